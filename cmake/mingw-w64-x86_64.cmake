# Cross-builds for 64-bit Windows with Debian's mingw-w64 compiler (the posix
# thread model, which std::thread needs), and runs what it builds under Wine.
#
# UPDATER_WINDOWS_PREFIX names the folder that holds the libraries built for
# Windows, UPDATER_WINDOWS_QT the static Qt for Windows (scripts/setup-windows
# makes both); without them only what the compiler brings is found, as when
# the libraries and Qt themselves are built.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

# Checks made while configuring build small programs with this file again;
# they need the prefix too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES UPDATER_WINDOWS_PREFIX UPDATER_WINDOWS_QT)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 ${UPDATER_WINDOWS_PREFIX} ${UPDATER_WINDOWS_QT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

if(UPDATER_WINDOWS_PREFIX)
  set(ENV{PKG_CONFIG_LIBDIR} ${UPDATER_WINDOWS_PREFIX}/lib/pkgconfig)
  set(ENV{PKG_CONFIG_PATH} "")
  set(OPENSSL_ROOT_DIR ${UPDATER_WINDOWS_PREFIX})
endif()
set(OPENSSL_USE_STATIC_LIBS TRUE)

# Qt's own programs (moc, uic, rcc, lrelease) run here: the Linux Qt of the
# same version supplies them.
if(UPDATER_WINDOWS_QT)
  set(QT_HOST_PATH /usr)
  set(QT_HOST_PATH_CMAKE_DIR /usr/lib/x86_64-linux-gnu/cmake)
endif()

# One file that needs only the system's own libraries: the C and C++ runtimes
# and the thread library are linked in.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
