/* Built as C against the installed header and library. Starts the engine with the model
 * folder given as argv[1] and checks the blend of a 2x1 black and white pair; then starts
 * it with the shipped model, whose folder the build was told by the CMake package or
 * pkg-config (KRI_SHIPPED_MODEL_DIR), and checks that a still frame stays as it is. */
#include <kestrune-rife-inference.h>
#include <stdio.h>
#include <string.h>

static int run(const char* model_dir, const uint8_t* a, const uint8_t* b, const uint8_t* expected) {
    uint8_t out[6] = {0};
    if (rife_init(model_dir) != 0 || rife_interpolate(a, b, 2, 1, out, 0.5f) != 0) {
        fprintf(stderr, "%s: %s\n", model_dir, rife_get_error());
        return 1;
    }
    rife_shutdown();
    if (memcmp(out, expected, sizeof out) != 0) {
        fprintf(stderr, "%s: got %d %d %d %d %d %d\n", model_dir, out[0], out[1], out[2], out[3],
                out[4], out[5]);
        return 1;
    }
    return 0;
}

int main(int argc, char** argv) {
    const uint8_t black[6] = {0, 0, 0, 0, 0, 0};
    const uint8_t white[6] = {255, 255, 255, 255, 255, 255};
    const uint8_t grey[6] = {128, 128, 128, 128, 128, 128};
    const uint8_t still[6] = {10, 200, 30, 40, 50, 250};
    if (argc != 2) return 2;
    if (run(argv[1], black, white, grey) != 0) return 1;
    if (run(KRI_SHIPPED_MODEL_DIR, still, still, still) != 0) return 1;
    puts("consumer: ok");
    return 0;
}
