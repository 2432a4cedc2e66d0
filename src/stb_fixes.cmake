# Writes the stb_image.h that the library compiles: Debian's copy (libstb-dev, stb_image
# 2.27) with fixes for memory-safety faults that fuzzing found in its decoders. Each fix is
# an exact text replacement; if the text is not found (a different stb version) configuring
# stops, so a fix is never silently lost. The result is <binary dir>/stb-fixed/stb/stb_image.h
# and KRI_STB_FIXED_DIR names its include folder, to be searched before the system's.
#
# Input: KRI_STB_INCLUDE_DIR (the folder holding stb/stb_image.h).

set(KRI_STB_FIXED_DIR ${CMAKE_BINARY_DIR}/stb-fixed)
file(READ ${KRI_STB_INCLUDE_DIR}/stb/stb_image.h _kri_stb)

function(_kri_stb_fix name old new)
  string(FIND "${_kri_stb}" "${old}" _at)
  if(_at EQUAL -1)
    message(FATAL_ERROR "stb_image.h: the text fixed by '${name}' was not found; this stb "
                        "version needs the fixes in src/stb_fixes.cmake reviewed")
  endif()
  string(REPLACE "${old}" "${new}" _fixed "${_kri_stb}")
  set(_kri_stb "${_fixed}" PARENT_SCOPE)
endfunction()

# 1. A JPEG Huffman table (DHT) whose 16 code-length counts add up to more than 256 makes
#    stbi__build_huffman and the value loop write past the table's 257-byte and 256-byte
#    arrays, over the neighbouring tables. Such a table is corrupt; refuse it as stb 2.28
#    does.
_kri_stb_fix(dht-count
  "               n += sizes[i];
            }
            L -= 17;"
  "               n += sizes[i];
            }
            if (n > 256) return stbi__err(\"bad DHT header\",\"Corrupt JPEG\");
            L -= 17;")

# The marker lets stb_codecs.c refuse to build against an unfixed copy. Written through a
# scratch file so the header (and what includes it) is only rebuilt when it changes.
file(WRITE ${KRI_STB_FIXED_DIR}/stb_image.h.new
  "#define KRI_STB_IMAGE_FIXED 1\n${_kri_stb}")
configure_file(${KRI_STB_FIXED_DIR}/stb_image.h.new ${KRI_STB_FIXED_DIR}/stb/stb_image.h COPYONLY)
configure_file(${KRI_STB_INCLUDE_DIR}/stb/stb_image_write.h
  ${KRI_STB_FIXED_DIR}/stb/stb_image_write.h COPYONLY)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
  ${KRI_STB_INCLUDE_DIR}/stb/stb_image.h ${CMAKE_CURRENT_LIST_FILE})
