#include "control/entry.h"

int main(int argc, char* argv[]) { return zarnorlith_main(argc, argv); }
