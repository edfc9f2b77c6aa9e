// lacquer: the delivery finisher.
#include "finish/main.h"

int main(int argc, char** argv) { return Finish::main(argc, argv); }
