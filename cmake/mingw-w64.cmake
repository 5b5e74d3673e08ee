# Cross-building the Windows x86-64 program on Debian with MinGW-w64 (the "posix" thread model,
# which std::thread needs). The Qt/OpenSSL prefix comes in through CMAKE_PREFIX_PATH.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(PCV_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${PCV_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${PCV_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${PCV_MINGW_TRIPLET}-windres)

# Libraries, headers and packages only from the target's folders; programs (moc, rcc) from the
# host's.
set(CMAKE_FIND_ROOT_PATH /usr/${PCV_MINGW_TRIPLET} ${CMAKE_PREFIX_PATH})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
