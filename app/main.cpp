// app/main.cpp: the program's entry point.
#include "app/startup.h"
#include "platform/threads.h"

int main(int argc, char** argv)
{
    // The worker threads still run at the end: the process ends here without static destructors.
    plat::process_exit(program_main(argc, argv));
}
