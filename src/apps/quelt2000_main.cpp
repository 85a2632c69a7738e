// Quelt2000, the browser shell.
#include "shell/forms/shellstart.h"

int main(int argc, char** argv) { return kv::RunQuelt2000(argc, argv); }
