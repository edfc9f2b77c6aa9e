// gelatin: the photo engine.
#include "engine/protocol/main.h"

int main(int argc, char** argv) { return Protocol::main(argc, argv); }
