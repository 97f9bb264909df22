#include "cli/qordefutil.h"

// Placeholder so the skeleton links; replaced by the real parser.
const CommandHandlers& DefaultCommandHandlers()
{
    static const CommandHandlers handlers{};
    return handlers;
}

int QorDefUtilMain(int, char**, const CommandHandlers&)
{
    return -1;
}
