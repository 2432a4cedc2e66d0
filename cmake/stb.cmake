# stb (Debian's libstb-dev, header-only C): where it is, the fixed stb_image.h the library
# compiles (src/stb_fixes.cmake), and the settings its compiled unit needs.
#
# Defines KRI_STB_INCLUDE_DIR (the stb headers as found), KRI_STB_FIXED_DIR (the fixed copy,
# to be searched first) and kri_use_stb(target), which puts the fixed copy on a target's
# include path as a system folder, so stb's own warnings stay out of our builds.

if(NOT CMAKE_CROSSCOMPILING)
  find_path(KRI_STB_INCLUDE_DIR stb/stb_image.h REQUIRED)
elseif(NOT KRI_STB_INCLUDE_DIR)
  # A cross build takes the host's copy (outside the find root) but must not put the
  # host's /usr/include on its search path, so only the two headers are copied.
  find_path(KRI_STB_SOURCE_DIR stb/stb_image.h NO_CMAKE_FIND_ROOT_PATH REQUIRED)
  set(KRI_STB_INCLUDE_DIR ${CMAKE_BINARY_DIR}/stb-include)
  foreach(header stb_image.h stb_image_write.h)
    configure_file(${KRI_STB_SOURCE_DIR}/stb/${header} ${KRI_STB_INCLUDE_DIR}/stb/${header} COPYONLY)
  endforeach()
endif()

include(${PROJECT_SOURCE_DIR}/src/stb_fixes.cmake)

function(kri_use_stb target)
  target_include_directories(${target} SYSTEM BEFORE PRIVATE ${KRI_STB_FIXED_DIR})
endfunction()

# kri_add_stb_unit(target): compiles stb's implementation, src/stb_codecs.c, into a target
# (the library, and the host program, which decodes and encodes the way the library does).
# The unit's own flags:
# - in C, stb declares static functions it leaves undefined under STBI_ONLY_*, reported at
#   the end of the unit whatever the header's system status;
# - under the sanitizers: stb's coders shift signed ints past their top bit (the JPEG
#   writer's bit buffer does on every file). GCC and clang define that as two's-complement
#   wrap-around and never optimise on it, so UBSan's shift-base check alone is off, and
#   only in stb's unit.
set(_kri_stb_unit_options $<$<C_COMPILER_ID:GNU,Clang>:-Wno-unused-function>)
if(KRI_SANITIZE OR KRI_FUZZ)
  list(APPEND _kri_stb_unit_options -fno-sanitize=shift-base)
endif()
function(kri_add_stb_unit target)
  set(unit ${PROJECT_SOURCE_DIR}/src/stb_codecs.c)
  target_sources(${target} PRIVATE ${unit})
  # Source properties belong to the folder of the CMakeLists.txt that calls this.
  set_source_files_properties(${unit} PROPERTIES COMPILE_OPTIONS "${_kri_stb_unit_options}")
  kri_use_stb(${target})
endfunction()
