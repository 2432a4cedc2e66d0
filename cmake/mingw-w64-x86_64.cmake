# Cross-build for 64-bit Windows with Debian's mingw-w64 (g++-mingw-w64-x86-64-posix):
#   cmake -S . -B build-mingw --toolchain cmake/mingw-w64-x86_64.cmake
# or `cmake --preset mingw`. The result is kestrune-rife-inference.dll, linked against
# ONNX Runtime's onnxruntime.dll (third_party/onnxruntime-win, filled by scripts/bootstrap).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(_kri_mingw x86_64-w64-mingw32)
# The -posix variants: libstdc++ built on winpthreads (the -win32 ones lack std::thread).
set(CMAKE_C_COMPILER ${_kri_mingw}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_kri_mingw}-g++-posix)
set(CMAKE_RC_COMPILER ${_kri_mingw}-windres)
find_program(CMAKE_AR ${_kri_mingw}-ar)
find_program(CMAKE_RANLIB ${_kri_mingw}-ranlib)
find_program(CMAKE_OBJDUMP ${_kri_mingw}-objdump)

# Target files live in the toolchain's own tree and in the ONNX Runtime release folder
# (the bootstrap's, or ONNXRUNTIME_ROOT); files already under a root are not re-rooted.
get_filename_component(_kri_ort_default ${CMAKE_CURRENT_LIST_DIR}/../third_party/onnxruntime-win
                       ABSOLUTE)
set(CMAKE_FIND_ROOT_PATH /usr/${_kri_mingw} ${_kri_ort_default})
if(ONNXRUNTIME_ROOT)
  list(APPEND CMAKE_FIND_ROOT_PATH ${ONNXRUNTIME_ROOT})
elseif(DEFINED ENV{ONNXRUNTIME_ROOT})
  list(APPEND CMAKE_FIND_ROOT_PATH $ENV{ONNXRUNTIME_ROOT})
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Everything from the toolchain (libgcc, libstdc++, winpthreads) goes into our DLL, so it
# needs nothing beyond onnxruntime.dll and Windows' own DLLs. -static only selects the
# static archives of those libraries; onnxruntime.dll and the system DLLs are still
# linked through their import libraries.
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

