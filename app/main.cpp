// TAVRIN-Zurid: operator program for an optical contrast and edge-detection sensor.
#include "app/shell.h"

int main(int argc, char** argv) {
    return zurid::RunProgram(argc, argv);
}
