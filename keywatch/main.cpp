#include "lifecycle.h"

int main(int argc, char** argv)
{
    return keywatchMain(argc, argv);
}
