// Must not build under the poison header: proves the check bites.
#include <sys/eventfd.h>

int main()
{
    return eventfd(0, 0) < 0 ? 1 : 0;
}
