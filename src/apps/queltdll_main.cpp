// queltdll, the launcher of the desktop's network and proxy settings.
#include "launcher/controlpanel.h"

int main(int argc, char** argv) { return kv::QueltdllMain(argc, argv); }
