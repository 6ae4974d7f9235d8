# The Windows layer's sources, shared by the program's build and the standalone test build.
set(VIGILORN_WINDOWS_SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/ComSupport.cpp
    ${CMAKE_CURRENT_LIST_DIR}/GetKeyValue.cpp
    ${CMAKE_CURRENT_LIST_DIR}/RegistryAutorun.cpp
    ${CMAKE_CURRENT_LIST_DIR}/SystemRestoreEngine.cpp
    ${CMAKE_CURRENT_LIST_DIR}/TskillProcessEnder.cpp
    ${CMAKE_CURRENT_LIST_DIR}/WinText.cpp
    ${CMAKE_CURRENT_LIST_DIR}/WindowsPlatform.cpp
    ${CMAKE_CURRENT_LIST_DIR}/WindowsSysInfoLauncher.cpp
    ${CMAKE_CURRENT_LIST_DIR}/WmiProcessSource.cpp)
set(VIGILORN_WINDOWS_LIBRARIES ole32 oleaut32 wbemuuid advapi32 shell32 user32)
