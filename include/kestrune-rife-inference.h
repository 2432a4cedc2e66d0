/*
 * kestrune-rife-inference: intermediate video frames on the CPU.
 *
 * The library runs a frame-interpolation network stored as the ONNX model file
 * "rife49_ensemble.onnx" through ONNX Runtime, and computes the frame that lies at a
 * timestep between two given frames, either from packed 8-bit RGB buffers in memory
 * (rife_interpolate) or from PNG/JPEG files on disk (rife_interpolate_files).
 *
 * Usage:
 *
 *     if (rife_init("/path/to/models") != 0) {
 *         fprintf(stderr, "rife_init: %s\n", rife_get_error());
 *         return 1;
 *     }
 *     if (rife_interpolate(frame_a, frame_b, width, height, middle, 0.5f) != 0)
 *         fprintf(stderr, "rife_interpolate: %s\n", rife_get_error());
 *     rife_shutdown();
 *
 * Threading: the library keeps one engine per process in unguarded global state and
 * takes no locks. Call it from one thread at a time (any thread, but never two calls
 * at once). It creates no threads of its own; ONNX Runtime runs each inference on its
 * own worker threads (4 intra-op, 2 inter-op) and returns when the frame is complete.
 * On a machine with fewer than 4 logical processors its idle workers sleep instead of
 * busy-waiting, so they do not take the cores from the working ones or from the host.
 *
 * Errors: every function that can fail returns 0 on success and -1 on failure, and a
 * failure writes a message of at most 511 bytes that rife_get_error() returns. The
 * library's own messages are short English phrases without a trailing full stop; a text
 * from ONNX Runtime is passed on as it comes (after a step name such as "Run: " where one
 * is given), so it may end with a full stop or a newline, and is cut at 511 bytes. A
 * success leaves the message as it was, except that a rife_init() call that starts the
 * engine empties it.
 *
 * Unloading: nothing of the library runs when it is unloaded. Call rife_shutdown()
 * before unloading it, or ONNX Runtime's objects stay allocated.
 */
#ifndef KESTRUNE_RIFE_INFERENCE_H
#define KESTRUNE_RIFE_INFERENCE_H

#include <stdint.h>

/*
 * RIFE_API marks the seven exported functions. Building the library defines
 * KESTRUNE_RIFE_BUILD; hosts that link the DLL on Windows get dllimport.
 */
#if defined(_WIN32)
#    if defined(KESTRUNE_RIFE_BUILD)
#        define RIFE_API __declspec(dllexport)
#    else
#        define RIFE_API __declspec(dllimport)
#    endif
#elif defined(__GNUC__) && __GNUC__ >= 4
#    define RIFE_API __attribute__((visibility("default")))
#else
#    define RIFE_API
#endif

#define KESTRUNE_RIFE_VERSION_MAJOR 1
#define KESTRUNE_RIFE_VERSION_MINOR 0
#define KESTRUNE_RIFE_VERSION_PATCH 0

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Start the engine: load "<model_dir>/rife49_ensemble.onnx" into an ONNX Runtime
 * session (CPU, 4 intra-op and 2 inter-op threads, all graph optimisations).
 *
 * @param model_dir  directory holding the model file, as UTF-8 text. "/" and the file
 *                   name are always appended, so a trailing "/" gives a doubled one.
 *
 * If the engine is already ready, returns 0 at once and changes nothing, the error text
 * included (model_dir is not looked at, so another directory or NULL keeps the first
 * model). After a failed
 * call, the next call first releases whatever the failed one had created.
 *
 * Error texts:
 *   "model_dir is NULL"         model_dir is NULL
 *   "Model path too long"       the model path would exceed 1023 bytes
 *   "Failed to get ORT API"     the ONNX Runtime loaded offers no API version 27
 *   "CreateSession: <reason>"   the model file is missing, unreadable or invalid
 *   "<reason>"                  ONNX Runtime could not create its environment, session
 *                               options or CPU memory description
 * <reason> is ONNX Runtime's own text, unchanged.
 *
 * @return 0 if successful, or -1 if an error occurred (see rife_get_error()). A call
 *         that starts the engine empties the error text; one on a ready engine leaves it.
 */
RIFE_API int rife_init(const char* model_dir);

/*
 * Interpolate one frame between two packed RGB frames in memory.
 *
 * A packed RGB frame is width x height pixels of 3 bytes (R, G, B), rows top to bottom,
 * each row exactly 3 * width bytes. Frames are padded with black to multiples of 64 for
 * the network; the padding is never read back.
 *
 * @param frame1    first frame (timestep 0), 3 * width * height bytes
 * @param frame2    second frame (timestep 1), same size
 * @param width     width of both frames (in pixels), at least 1
 * @param height    height of both frames (in pixels), at least 1
 * @param out_rgb   receives the intermediate frame, 3 * width * height bytes provided by
 *                  the caller (its size cannot be checked). Not written on failure.
 * @param timestep  position of the wanted frame, 0.0 (frame1) to 1.0 (frame2); 0.5 is
 *                  the midpoint. A value outside [0, 1], or NaN, is replaced by 0.5
 *                  without an error.
 *
 * Frames whose padded size holds more than 2147483647 samples (3 * padded width *
 * padded height) are refused. Memory held per call: two planar float buffers of
 * 12 * padded width * padded height bytes, plus what ONNX Runtime needs for the run.
 *
 * Error texts, tested in this order:
 *   "Not initialized"           rife_init() has not succeeded
 *   "NULL frame pointer"        frame1, frame2 or out_rgb is NULL
 *   "Invalid dimensions"        width or height is below 1
 *   "Frame too large"           the padded frame exceeds the limit above
 *   "Memory allocation failed"  a planar input buffer could not be allocated
 *   "<reason>"                  ONNX Runtime could not create an input tensor
 *   "Run: <reason>"             the inference failed
 *   "Unexpected model output"   the output is not a float tensor of at least
 *                               3 * padded height * padded width elements
 *
 * @return 0 if successful (out_rgb filled), or -1 if an error occurred (see
 *         rife_get_error()).
 */
RIFE_API int rife_interpolate(const uint8_t* frame1, const uint8_t* frame2, int width, int height,
                              uint8_t* out_rgb, float timestep);

/*
 * Interpolate one frame between two image files into a third.
 *
 * Inputs: PNG (1 to 16 bits, grey, grey+alpha, RGB, RGBA or palette, interlaced or not)
 * or 8-bit JPEG (baseline or progressive; grey, RGB or CMYK), at most 16777216 pixels a
 * side. Grey is spread to R, G and B; alpha is dropped; 16-bit samples keep their high
 * byte. Both files are always decoded, even when the first fails or the engine is not
 * ready. Paths are passed to fopen() unchanged.
 *
 * Output: an 8-bit RGB PNG when the text from the last "." of output_path is exactly
 * ".png" or ".PNG"; a JPEG at quality 95 otherwise (".Png", ".jpg", no extension, or a
 * dot only in a directory name). A JPEG holds at most 65535 pixels a side; a larger
 * frame is refused before anything is written. Nothing is written unless the
 * interpolation succeeded.
 *
 * Writing: the frame is encoded into a new hidden file beside the output (beside the
 * file a symlink leads to; the link stays) and renamed over it only when complete, so a
 * failed write leaves the previous file whole, an input named as the output included,
 * and removes only its own temporary file. The replaced file's mode (and, where
 * permitted, owner) is kept; hard links to it keep the old frame. A device, FIFO or
 * anything else that is not a regular file is written in place and never removed, as is
 * an output whose folder takes no new file. A pipe whose reader has gone is a write
 * failure: SIGPIPE is blocked on the calling thread during the write and one raised
 * there is consumed. Windows builds write in place and remove a partial regular file.
 *
 * @param frame1_path  first image (timestep 0)
 * @param frame2_path  second image (timestep 1), same width and height
 * @param output_path  file to write
 * @param timestep     passed to rife_interpolate(), which applies its rule
 *
 * Error texts, in this order:
 *   "NULL path"                 a path is NULL
 *   "Failed to load frame1"     the first file is missing or not a decodable PNG/JPEG
 *                               (reported even when the second also failed)
 *   "Failed to load frame2"     likewise for the second file
 *   "Frame dimensions mismatch" the images differ in width or height
 *   "OOM"                       the output pixels could not be allocated
 *   any text of rife_interpolate(), passed on
 *   "Failed to write output"    the output file could not be created or written, the
 *                               frame is too large for the format, or a pipe's reader
 *                               has gone
 *
 * @return 0 if successful, or -1 if an error occurred (see rife_get_error()).
 */
RIFE_API int rife_interpolate_files(const char* frame1_path, const char* frame2_path,
                                    const char* output_path, float timestep);

/*
 * Progress counter, kept for compatibility with hosts that poll it.
 *
 * @return always 0: no operation advances it.
 */
RIFE_API int rife_get_progress(void);

/*
 * Kept for compatibility with hosts that call it: does nothing and returns at once.
 * It neither sets a flag nor affects a running or later call.
 */
RIFE_API void rife_cancel(void);

/*
 * The text of the most recent failure.
 *
 * @return a NUL-terminated text of at most 511 bytes, empty before any failure and after
 *         a rife_init() call that started the engine. The address stays the same for the
 *         life of the library; the text changes when a later call fails or starts the
 *         engine, and at no other time. Texts from ONNX Runtime are passed on as they
 *         come (see Errors above). Never NULL.
 */
RIFE_API const char* rife_get_error(void);

/*
 * Release the engine: the session, session options, memory description and
 * environment, in that order. Never fails; may be called in any state and any number of
 * times. The error text is kept. rife_init() may be called again afterwards.
 */
RIFE_API void rife_shutdown(void);

#ifdef __cplusplus
}
#endif

#endif /* KESTRUNE_RIFE_INFERENCE_H */
