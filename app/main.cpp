// app/main.cpp: the program's entry point.
#include "app/startup.h"

int main(int argc, char** argv)
{
    return program_main(argc, argv);
}
