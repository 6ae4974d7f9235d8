// The entry points of the module the program loads the first time it needs the store.
#include "BuiltinChanges.h"
#include "BuiltinStore.h"

#define VIGILORN_EXPORT __attribute__((visibility("default")))

extern "C" {

VIGILORN_EXPORT const char* vigilorn_gitstore_build() {
    return VIGILORN_GITSTORE_BUILD;
}

VIGILORN_EXPORT vigilorn::RestoreEngine*
vigilorn_gitstore_new_store(const vigilorn::BuiltinStoreOptions* o) {
    return new vigilorn::BuiltinStore(*o);
}

VIGILORN_EXPORT vigilorn::RestoreChanges*
vigilorn_gitstore_new_changes(const vigilorn::BuiltinChangesOptions* o) {
    return new vigilorn::BuiltinChanges(*o);
}
}
