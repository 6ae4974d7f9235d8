// Stands in for a running installer or msinfo32 in the tests: it does nothing until ended.
// An argument gives the seconds to wait; without one it ends by itself after two minutes,
// should a test die before ending it.
#include "../WinHeaders.h"

#include <cstdlib>

int main(int argc, char** argv) {
    unsigned long seconds = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 120;
    Sleep(static_cast<DWORD>(seconds * 1000));
    return 0;
}
