#include "driver/run.h"

int main(int argc, char** argv) { return quillon_main(argc, argv); }
