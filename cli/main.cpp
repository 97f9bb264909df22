// Entry point of qordefutil: everything lives in the cli library so tests
// can drive the same code with their own handlers.
#include "cli/qordefutil.h"

int main(int argc, char** argv)
{
    return QorDefUtilMain(argc, argv, DefaultCommandHandlers());
}
