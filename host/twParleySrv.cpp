// twParleySrv: the host program of the server control.
#include "host/mHostProgram.h"

int main(int argc, char** argv) { return tw::RunHostProgram(argc, argv); }
