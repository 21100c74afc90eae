// Veltrane: the instrument. Opens its window and runs until the window is closed.
#include "VeltraneApp/VeltraneMain.h"

#include <string>
#include <vector>

int main(int argc, char** argv) { return veltrane::VeltraneMain(std::vector<std::string>(argv, argv + argc)).run(); }
