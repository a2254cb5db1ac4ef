# Cross build for 32-bit Windows (the product).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(LUMO_TRIPLE i686-w64-mingw32)
set(CMAKE_C_COMPILER   ${LUMO_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${LUMO_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER  ${LUMO_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${LUMO_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(LUMO_RUNTIME_DLLS
  /usr/lib/gcc/${LUMO_TRIPLE}/12-posix/libstdc++-6.dll
  /usr/lib/gcc/${LUMO_TRIPLE}/12-posix/libgcc_s_dw2-1.dll
  /usr/${LUMO_TRIPLE}/lib/libwinpthread-1.dll)
