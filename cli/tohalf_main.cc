#include "cli/converters.h"

int main(int argc, char **argv)
{
    return tohalf_run(argc, argv);
}
