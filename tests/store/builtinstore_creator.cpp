// Makes restore points in a built-in store, for a test that runs two of these at once.
// Arguments: store, configuration folder, etc folder, dpkg status, count, description prefix.
#include "store/BuiltinStore.h"

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
    if (argc != 7)
        return 2;
    vigilorn::BuiltinStore::Options o;
    o.repository = argv[1];
    o.source = argv[2];
    o.etc = argv[3];
    o.dpkgStatus = argv[4];
    o.flatpakSystem.clear();
    o.displayName = "creator";
    const int count = std::atoi(argv[5]);
    vigilorn::BuiltinStore store(o);
    for (int i = 0; i < count; ++i) {
        if (const vigilorn::Failure f =
                store.createRestorePoint(argv[6] + std::to_string(i), 12, 100)) {
            std::fprintf(stderr, "%d %s\n", f->number, f->description.c_str());
            return 1;
        }
    }
    return 0;
}
