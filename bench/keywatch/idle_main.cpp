// keywatch on the simulated keyboard, for measuring an idle process.
#include "lifecycle.h"
#include "sim_backend.h"

int main(int argc, char** argv)
{
    auto keyboard = sim::Keyboard::install();
    return keywatchMain(argc, argv);
}
