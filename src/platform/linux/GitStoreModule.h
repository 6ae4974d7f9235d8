#pragma once
// The built-in store and its comparison live in a module of their own, loaded the first time a
// restore point is made or read: libgit2 and the TLS, SSH and Kerberos libraries it brings
// would otherwise hold megabytes of memory for as long as the program sits in the tray.
#include "BuiltinChanges.h"
#include "BuiltinStore.h"

// C++ objects cross the module boundary, so program and module must come from the same build.
#define VIGILORN_GITSTORE_BUILD VIGILORN_GITSTORE_VERSION " " __VERSION__

extern "C" {
const char* vigilorn_gitstore_build();
vigilorn::RestoreEngine* vigilorn_gitstore_new_store(const vigilorn::BuiltinStore::Options* o);
vigilorn::RestoreChanges* vigilorn_gitstore_new_changes(const vigilorn::BuiltinChanges::Options* o);
}
