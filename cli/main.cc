#include "cli/Cli.h"

int main(int argc, char** argv) { return quirna::runMain(argc, argv, quirna::dispatchTable()); }
