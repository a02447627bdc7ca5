#include "cli/Batch.h"

int main(int argc, char** argv) { return quirna::runBatch(argc, argv, quirna::dispatchTable()); }
