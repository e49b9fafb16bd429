#include "driver/driver.h"

int main(int argc, char** argv) { return dupcut::driver_main(argc, argv); }
