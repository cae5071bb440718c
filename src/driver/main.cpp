#include "driver/driver.h"

int main(int argc, char** argv) { return run_qik_programmer(argc, argv); }
