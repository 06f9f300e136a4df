# A cross build with one of Debian's cross compilers (g++-TRIPLET), the
# triplet given as FLOODOUT_TRIPLET (aarch64-linux-gnu, s390x-linux-gnu...).
# Its libraries are under /usr/TRIPLET, where qemu-user finds them too.
set(CMAKE_SYSTEM_NAME Linux)
string(REGEX MATCH "^[^-]+" CMAKE_SYSTEM_PROCESSOR "${FLOODOUT_TRIPLET}")
set(CMAKE_C_COMPILER ${FLOODOUT_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${FLOODOUT_TRIPLET}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${FLOODOUT_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# try_compile projects see the same triplet.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES FLOODOUT_TRIPLET)
