// Paths and names fixed by the build (host/CMakeLists.txt), with stand-ins for a build
// that does not set them.
#pragma once

#ifndef KRI_HOST_BUILD_DIR
#    define KRI_HOST_BUILD_DIR ""
#endif
#ifndef KRI_HOST_BUILD_LIBRARY
#    define KRI_HOST_BUILD_LIBRARY ""
#endif
#ifndef KRI_HOST_BUILD_MODEL_DIR
#    define KRI_HOST_BUILD_MODEL_DIR ""
#endif
#ifndef KRI_HOST_LIBRARY_NAME
#    define KRI_HOST_LIBRARY_NAME "libkestrune-rife-inference.so.1"
#endif
#ifndef KRI_HOST_INSTALL_LIBDIR
#    define KRI_HOST_INSTALL_LIBDIR "../lib"
#endif
#ifndef KRI_HOST_INSTALL_MODEL_DIR
#    define KRI_HOST_INSTALL_MODEL_DIR "../share/kestrune-rife-inference/models"
#endif
#ifndef KRI_HOST_VERSION
#    define KRI_HOST_VERSION "1.0.0"
#endif
