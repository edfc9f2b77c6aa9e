#pragma once

namespace Protocol {

// The program's entry point; returns the exit status.
int main(int argc, char** argv);

}  // namespace Protocol
