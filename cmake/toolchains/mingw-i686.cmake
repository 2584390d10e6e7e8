# 32-bit Windows with mingw-w64; programs run under Wine.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
# stdcall entries export under their plain names ("Name", not "Name@8"), as
# hosts and the gateway look them up.
string(APPEND CMAKE_SHARED_LINKER_FLAGS_INIT " -Wl,--kill-at")
string(APPEND CMAKE_MODULE_LINKER_FLAGS_INIT " -Wl,--kill-at")
