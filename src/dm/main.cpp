#include "dm/tool.h"

int main(int argc, char* argv[]) { return dm::tool_main(argc, argv, stdout, stderr); }
