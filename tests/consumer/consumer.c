/* Built as C against the installed header and library: starts the engine with the model
 * folder given as argv[1], interpolates one 2x1 frame pair, and checks the blend. */
#include <kestrune-rife-inference.h>
#include <stdio.h>

int main(int argc, char** argv) {
    const uint8_t black[6] = {0, 0, 0, 0, 0, 0};
    const uint8_t white[6] = {255, 255, 255, 255, 255, 255};
    uint8_t out[6] = {0};
    if (argc != 2) return 2;
    if (rife_init(argv[1]) != 0) {
        fprintf(stderr, "rife_init: %s\n", rife_get_error());
        return 1;
    }
    if (rife_interpolate(black, white, 2, 1, out, 0.5f) != 0) {
        fprintf(stderr, "rife_interpolate: %s\n", rife_get_error());
        return 1;
    }
    rife_shutdown();
    for (int i = 0; i < 6; ++i) {
        if (out[i] != 128) {
            fprintf(stderr, "byte %d is %d, expected 128\n", i, out[i]);
            return 1;
        }
    }
    puts("consumer: ok");
    return 0;
}
