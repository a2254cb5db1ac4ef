# Cross build for 64-bit Windows (test vehicle on machines that cannot run 32-bit code).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(LUMO_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER   ${LUMO_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${LUMO_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER  ${LUMO_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${LUMO_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(LUMO_RUNTIME_DLLS
  /usr/lib/gcc/${LUMO_TRIPLE}/12-posix/libstdc++-6.dll
  /usr/lib/gcc/${LUMO_TRIPLE}/12-posix/libgcc_s_seh-1.dll
  /usr/${LUMO_TRIPLE}/lib/libwinpthread-1.dll)
