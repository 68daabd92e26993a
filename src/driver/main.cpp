// The entry point of the talvek program.
#include "driver/driver.h"

int main(int argc, char** argv) { talvek::tool_main(argc, argv); }
