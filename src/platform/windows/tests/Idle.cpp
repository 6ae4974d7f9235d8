// Stands in for a running installer or msinfo32 in the tests: it does nothing until ended.
#include "../WinHeaders.h"

int main() {
    Sleep(120000); // ends by itself should a test die before ending it
    return 0;
}
