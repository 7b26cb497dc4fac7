// The two conversions, each run once per process by its program's main.
#ifndef PICTOR_CLI_CONVERTERS_H
#define PICTOR_CLI_CONVERTERS_H

// pictor_tohalf: reads the Radiance picture named by -i, applies its header's gamma and
// exposure, and writes an OpenEXR RGBA half file at the -o path. Returns the exit status.
int tohalf_run(int argc, const char *const *argv);

// pictor_fromhalf: reads the OpenEXR file named by -i, writes every scanline into the dump
// "inscanline_out.raw" in the current directory, and writes a run-length coded Radiance picture
// at the -o path. Returns the exit status (-1 when the dump can't be written).
int fromhalf_run(int argc, const char *const *argv);

#endif
