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
_kri_stb_fix(dht-count [=[
               n += sizes[i];
            }
            L -= 17;]=] [=[
               n += sizes[i];
            }
            if (n > 256) return stbi__err("bad DHT header","Corrupt JPEG");
            L -= 17;]=])

# 2. Reading bits past the end of the entropy-coded data drove the bit count negative, and
#    the next refill shifted by 33 or more (found by fuzzing: shift exponent too large).
#    When the stream has run out, each reader returns zero bits without consuming any, as
#    stb 2.28 does; the decode then ends on its usual corrupt-data checks.
_kri_stb_fix(extend-receive-out-of-bits [=[
   if (j->code_bits < n) stbi__grow_buffer_unsafe(j);

   sgn = j->code_buffer >> 31;]=] [=[
   if (j->code_bits < n) stbi__grow_buffer_unsafe(j);
   if (j->code_bits < n) return 0;

   sgn = j->code_buffer >> 31;]=])
_kri_stb_fix(get-bits-out-of-bits [=[
   if (j->code_bits < n) stbi__grow_buffer_unsafe(j);
   k = stbi_lrot(j->code_buffer, n);]=] [=[
   if (j->code_bits < n) stbi__grow_buffer_unsafe(j);
   if (j->code_bits < n) return 0;
   k = stbi_lrot(j->code_buffer, n);]=])
_kri_stb_fix(get-bit-out-of-bits [=[
   if (j->code_bits < 1) stbi__grow_buffer_unsafe(j);
   k = j->code_buffer;]=] [=[
   if (j->code_bits < 1) stbi__grow_buffer_unsafe(j);
   if (j->code_bits < 1) return 0;
   k = j->code_buffer;]=])
# The fast AC path consumes a combined length that may exceed the bits held.
_kri_stb_fix(fast-ac-length [=[
         s = r & 15; // combined length
         j->code_buffer <<= s;]=] [=[
         s = r & 15; // combined length
         if (s > j->code_bits) return stbi__err("bad huffman code","Corrupt JPEG");
         j->code_buffer <<= s;]=])
_kri_stb_fix(fast-ac-length-progressive [=[
            s = r & 15; // combined length
            j->code_buffer <<= s;]=] [=[
            s = r & 15; // combined length
            if (s > j->code_bits) return stbi__err("bad huffman code","Corrupt JPEG");
            j->code_buffer <<= s;]=])

# 3. A symbol id outside the table (from a corrupt code) indexed h->values and h->size out
#    of bounds; stb 2.28 refuses it.
_kri_stb_fix(huffman-symbol-range [=[
   c = ((j->code_buffer >> (32 - k)) & stbi__bmask[k]) + h->delta[k];
   STBI_ASSERT(]=] [=[
   c = ((j->code_buffer >> (32 - k)) & stbi__bmask[k]) + h->delta[k];
   if (c < 0 || c >= 256) return -1;
   STBI_ASSERT(]=])

# 4. The running DC prediction and its scaling are int arithmetic on values a corrupt file
#    chooses; a sum or product past the int range is refused (as stb 2.28 does) instead of
#    overflowing.
_kri_stb_fix(dc-baseline [=[
   dc = j->img_comp[b].dc_pred + diff;
   j->img_comp[b].dc_pred = dc;
   data[0] = (short) (dc * dequant[0]);]=] [=[
   if ((long long) j->img_comp[b].dc_pred + diff > INT_MAX || (long long) j->img_comp[b].dc_pred + diff < INT_MIN ||
       (long long) (j->img_comp[b].dc_pred + diff) * dequant[0] > INT_MAX ||
       (long long) (j->img_comp[b].dc_pred + diff) * dequant[0] < INT_MIN)
      return stbi__err("bad delta","Corrupt JPEG");
   dc = j->img_comp[b].dc_pred + diff;
   j->img_comp[b].dc_pred = dc;
   data[0] = (short) (dc * dequant[0]);]=])
_kri_stb_fix(dc-progressive [=[
      dc = j->img_comp[b].dc_pred + diff;
      j->img_comp[b].dc_pred = dc;
      data[0] = (short) (dc * (1 << j->succ_low));]=] [=[
      if ((long long) j->img_comp[b].dc_pred + diff > INT_MAX || (long long) j->img_comp[b].dc_pred + diff < INT_MIN ||
          (long long) (j->img_comp[b].dc_pred + diff) * (1 << j->succ_low) > INT_MAX ||
          (long long) (j->img_comp[b].dc_pred + diff) * (1 << j->succ_low) < INT_MIN)
         return stbi__err("bad delta","Corrupt JPEG");
      dc = j->img_comp[b].dc_pred + diff;
      j->img_comp[b].dc_pred = dc;
      data[0] = (short) (dc * (1 << j->succ_low));]=])

# An IDAT chunk of length 0 before any data has arrived reads 0 bytes to a null buffer
# (memcpy(NULL, ..., 0), and NULL + 0): undefined. An empty chunk adds nothing; skip the read.
_kri_stb_fix(png-empty-idat [=[
            if (!stbi__getn(s, z->idata+ioff,c.length)) return stbi__err("outofdata","Corrupt PNG");]=] [=[
            if (c.length > 0 && !stbi__getn(s, z->idata+ioff,c.length)) return stbi__err("outofdata","Corrupt PNG");]=])

# 5. The JPEG decoder's state is malloc'd and never cleared, and corrupt files read parts
#    of it they never wrote (for one, a scan may select a Huffman table the file never
#    defined): decoding then used whatever the previous user of that memory left there, so
#    the same bytes decoded or failed depending on what ran before (found by fuzzing: one
#    file loaded as frame 1 but not as frame 2). The state is zeroed first, as in stb 2.28,
#    so every file decodes the same way every time.
_kri_stb_fix(jpeg-state-load [=[
   if (!j) return stbi__errpuc("outofmem", "Out of memory");
   STBI_NOTUSED(ri);]=] [=[
   if (!j) return stbi__errpuc("outofmem", "Out of memory");
   memset(j, 0, sizeof(stbi__jpeg));
   STBI_NOTUSED(ri);]=])
_kri_stb_fix(jpeg-state-test [=[
   if (!j) return stbi__err("outofmem", "Out of memory");
   j->s = s;
   stbi__setup_jpeg(j);]=] [=[
   if (!j) return stbi__err("outofmem", "Out of memory");
   memset(j, 0, sizeof(stbi__jpeg));
   j->s = s;
   stbi__setup_jpeg(j);]=])
_kri_stb_fix(jpeg-state-info [=[
   if (!j) return stbi__err("outofmem", "Out of memory");
   j->s = s;
   result = stbi__jpeg_info_raw(j, x, y, comp);]=] [=[
   if (!j) return stbi__err("outofmem", "Out of memory");
   memset(j, 0, sizeof(stbi__jpeg));
   j->s = s;
   result = stbi__jpeg_info_raw(j, x, y, comp);]=])

# 5b. The coefficients of a progressive JPEG are malloc'd and accumulated over its scans; a
#    corrupt file's refinement scans read coefficients that no earlier scan wrote (valgrind:
#    conditional jumps on uninitialised values in stbi__parse_entropy_coded_data), so again
#    the result depended on what the heap held (found by fuzzing: a 17 x 267 JPEG loaded as
#    frame 1 but not as frame 2). They start at zero, as a first scan would leave them.
_kri_stb_fix(jpeg-progressive-coefficients [=[
         z->img_comp[i].coeff = (short*) (((size_t) z->img_comp[i].raw_coeff + 15) & ~15);]=] [=[
         memset(z->img_comp[i].raw_coeff, 0, (size_t) z->img_comp[i].w2 * z->img_comp[i].h2 * sizeof(short) + 15);
         z->img_comp[i].coeff = (short*) (((size_t) z->img_comp[i].raw_coeff + 15) & ~15);]=])

# 6. A PNG's image data was inflated whole into a buffer that doubled without bound, so a
#    small file declaring 1 x 1 could take gigabytes. The header fixes how many bytes the
#    image needs: inflating now stops at that size (rows and Adam7 passes, each with its
#    filter byte, are at most 3 bytes a row and 14 bytes over the non-interlaced size),
#    plus 64 KB. The slack covers the largest single write of the inflater (a stored
#    block), so stopping there never cuts image data short; whatever the stream holds
#    beyond is ignored, as trailing data already was (stb checks only for too little).
_kri_stb_fix(zlib-cap-field [=[
   int   z_expandable;]=] [=[
   int   z_expandable;
   unsigned int zout_cap; // 0: unbounded; otherwise output stops before passing it
   int   zout_capped;     // set when output stopped at zout_cap]=])
_kri_stb_fix(zlib-cap-none [=[
   a->z_expandable = exp;
]=] [=[
   a->z_expandable = exp;
   a->zout_cap = 0;
   a->zout_capped = 0;
]=])
_kri_stb_fix(zlib-cap-expand [=[
   if (UINT_MAX - cur < (unsigned) n) return stbi__err("outofmem", "Out of memory");
   while (cur + n > limit) {
      if(limit > UINT_MAX / 2) return stbi__err("outofmem", "Out of memory");
      limit *= 2;
   }]=] [=[
   if (UINT_MAX - cur < (unsigned) n) return stbi__err("outofmem", "Out of memory");
   if (z->zout_cap && cur + n > z->zout_cap) { z->zout_capped = 1; return 0; }
   while (cur + n > limit) {
      if(limit > UINT_MAX / 2) return stbi__err("outofmem", "Out of memory");
      limit *= 2;
   }
   if (z->zout_cap && limit > z->zout_cap) limit = z->zout_cap;]=])
_kri_stb_fix(zlib-cap-decoder [=[
STBIDEF int stbi_zlib_decode_buffer(char *obuffer, int olen, char const *ibuffer, int ilen)]=] [=[
// Inflates into a buffer that starts at initial_size and never grows past cap; reaching
// the cap ends inflation successfully with what was inflated so far.
static char *stbi__zlib_decode_capped(const char *buffer, int len, int initial_size, stbi__uint32 cap, int *outlen, int parse_header)
{
   stbi__zbuf a;
   char *p = (char *) stbi__malloc(initial_size);
   if (p == NULL) return NULL;
   a.zbuffer = (stbi_uc *) buffer;
   a.zbuffer_end = (stbi_uc *) buffer + len;
   a.zout_start = p;
   a.zout = p;
   a.zout_end = p + initial_size;
   a.z_expandable = 1;
   a.zout_cap = cap;
   a.zout_capped = 0;
   if (stbi__parse_zlib(&a, parse_header) || a.zout_capped) {
      if (outlen) *outlen = (int) (a.zout - a.zout_start);
      return a.zout_start;
   }
   STBI_FREE(a.zout_start);
   return NULL;
}

STBIDEF int stbi_zlib_decode_buffer(char *obuffer, int olen, char const *ibuffer, int ilen)]=])
# raw_len is below 2^31 + 2^24 (stb limits x * y * channels to 2^30, two bytes a sample,
# and each side to 2^24), so the cap stays inside 32 bits.
_kri_stb_fix(zlib-cap-png [=[
            z->expanded = (stbi_uc *) stbi_zlib_decode_malloc_guesssize_headerflag((char *) z->idata, ioff, raw_len, (int *) &raw_len, !is_iphone);]=] [=[
            z->expanded = (stbi_uc *) stbi__zlib_decode_capped((char *) z->idata, ioff, raw_len, raw_len + 3 * s->img_y + 14 + 65536, (int *) &raw_len, !is_iphone);]=])

# 7. An IDAT chunk's buffer was grown to the length its header claims before any of its
#    data was read, so a file of a few hundred bytes claiming a 2 GB chunk made stb_image
#    allocate 2 GB (found by fuzzing under -malloc_limit_mb). The chunk is now read in
#    pieces of at most 64 KB, and the buffer grows only with data the file really holds.
#    Applied after the empty-IDAT fix above, whose text it replaces.
_kri_stb_fix(png-idat-grow-with-data [=[
            if (ioff + c.length > idata_limit) {
               stbi__uint32 idata_limit_old = idata_limit;
               stbi_uc *p;
               if (idata_limit == 0) idata_limit = c.length > 4096 ? c.length : 4096;
               while (ioff + c.length > idata_limit)
                  idata_limit *= 2;
               STBI_NOTUSED(idata_limit_old);
               p = (stbi_uc *) STBI_REALLOC_SIZED(z->idata, idata_limit_old, idata_limit); if (p == NULL) return stbi__err("outofmem", "Out of memory");
               z->idata = p;
            }
            if (c.length > 0 && !stbi__getn(s, z->idata+ioff,c.length)) return stbi__err("outofdata","Corrupt PNG");
            ioff += c.length;]=] [=[
            {
               stbi__uint32 left = c.length;
               while (left > 0) {
                  stbi__uint32 piece = left < 65536 ? left : 65536;
                  if (ioff + piece > idata_limit) {
                     stbi__uint32 idata_limit_old = idata_limit;
                     stbi_uc *p;
                     if (idata_limit == 0) idata_limit = 4096;
                     while (ioff + piece > idata_limit)
                        idata_limit *= 2;
                     STBI_NOTUSED(idata_limit_old);
                     p = (stbi_uc *) STBI_REALLOC_SIZED(z->idata, idata_limit_old, idata_limit); if (p == NULL) return stbi__err("outofmem", "Out of memory");
                     z->idata = p;
                  }
                  if (!stbi__getn(s, z->idata+ioff, piece)) return stbi__err("outofdata","Corrupt PNG");
                  ioff += piece;
                  left -= piece;
               }
            }]=])

# The marker lets stb_codecs.c refuse to build against an unfixed copy. Written through a
# scratch file so the header (and what includes it) is only rebuilt when it changes.
file(WRITE ${KRI_STB_FIXED_DIR}/stb_image.h.new
  "#define KRI_STB_IMAGE_FIXED 1\n${_kri_stb}")
configure_file(${KRI_STB_FIXED_DIR}/stb_image.h.new ${KRI_STB_FIXED_DIR}/stb/stb_image.h COPYONLY)
configure_file(${KRI_STB_INCLUDE_DIR}/stb/stb_image_write.h
  ${KRI_STB_FIXED_DIR}/stb/stb_image_write.h COPYONLY)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
  ${KRI_STB_INCLUDE_DIR}/stb/stb_image.h ${CMAKE_CURRENT_LIST_FILE})
