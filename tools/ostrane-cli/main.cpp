// ostrane-cli: lists Ostrane boards and talks to them through libOstraneCommsUSB.
#include "app.h"

int main(int argc, char** argv)
{
    return run_cli(argc, argv);
}
