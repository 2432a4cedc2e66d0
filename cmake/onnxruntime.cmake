# ONNX Runtime, from a folder laid out like its official release archive:
#   ${ONNXRUNTIME_ROOT}/include/onnxruntime_c_api.h
#   ${ONNXRUNTIME_ROOT}/lib/libonnxruntime.so        (Linux)
#   ${ONNXRUNTIME_ROOT}/lib/onnxruntime.lib or .dll.a + bin/ or lib/onnxruntime.dll (Windows)
# The default is the folder scripts/bootstrap fills. Defines onnxruntime::onnxruntime.
if(NOT ONNXRUNTIME_ROOT)
  if(DEFINED ENV{ONNXRUNTIME_ROOT})
    set(_ort_default "$ENV{ONNXRUNTIME_ROOT}")
  elseif(WIN32)
    set(_ort_default "${CMAKE_CURRENT_SOURCE_DIR}/third_party/onnxruntime-win")
  else()
    set(_ort_default "${CMAKE_CURRENT_SOURCE_DIR}/third_party/onnxruntime")
  endif()
  set(ONNXRUNTIME_ROOT "${_ort_default}" CACHE PATH "ONNX Runtime release folder")
endif()
if(NOT EXISTS "${ONNXRUNTIME_ROOT}/include/onnxruntime_c_api.h")
  message(FATAL_ERROR "ONNX Runtime not found in ${ONNXRUNTIME_ROOT}: run scripts/bootstrap "
                      "or set ONNXRUNTIME_ROOT to an ONNX Runtime release folder")
endif()

set(ONNXRUNTIME_LIB_DIR "${ONNXRUNTIME_ROOT}/lib")
add_library(onnxruntime::onnxruntime SHARED IMPORTED)
set_target_properties(onnxruntime::onnxruntime PROPERTIES
  INTERFACE_INCLUDE_DIRECTORIES "${ONNXRUNTIME_ROOT}/include")
if(WIN32)
  find_file(ONNXRUNTIME_DLL onnxruntime.dll PATHS "${ONNXRUNTIME_ROOT}/bin" "${ONNXRUNTIME_ROOT}/lib"
            NO_DEFAULT_PATH REQUIRED)
  find_file(ONNXRUNTIME_IMPLIB NAMES onnxruntime.lib libonnxruntime.dll.a
            PATHS "${ONNXRUNTIME_ROOT}/lib" NO_DEFAULT_PATH REQUIRED)
  set_target_properties(onnxruntime::onnxruntime PROPERTIES
    IMPORTED_LOCATION "${ONNXRUNTIME_DLL}" IMPORTED_IMPLIB "${ONNXRUNTIME_IMPLIB}")
  set(ONNXRUNTIME_RUNTIME_FILE "${ONNXRUNTIME_DLL}")
else()
  set(_ort_lib "${ONNXRUNTIME_LIB_DIR}/libonnxruntime.so")
  if(NOT EXISTS "${_ort_lib}")
    message(FATAL_ERROR "ONNX Runtime library not found: ${_ort_lib}")
  endif()
  set_target_properties(onnxruntime::onnxruntime PROPERTIES
    IMPORTED_LOCATION "${_ort_lib}" IMPORTED_SONAME "libonnxruntime.so.1")
  # Only the runtime file goes beside our library, under its soname; the development
  # link libonnxruntime.so is for building against ONNX Runtime, not for our users.
  file(REAL_PATH "${ONNXRUNTIME_LIB_DIR}/libonnxruntime.so.1" ONNXRUNTIME_RUNTIME_FILE)
endif()
