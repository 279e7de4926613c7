// The entry program: everything lives in the library.
#include "Tavrel/Cli/Main.h"

int main(int argc, char** argv) { return Tavrel::Cli::Main::main(argc, argv); }
