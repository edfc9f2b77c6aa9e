// ferry: hands photos selected in the catalogue application over to the Studio.
#include "handoff/main.h"

int main(int argc, char** argv) { return Handoff::main(argc, argv); }
