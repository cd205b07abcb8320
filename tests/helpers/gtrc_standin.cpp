// Stand-in for the character-mode help viewer: records its arguments, its
// working directory and LYNX_HELP, then ends as a user leaving it would.
#include <cstdlib>

#include "standin_log.h"

int main(int argc, char **argv) {
    const std::string path = standin::log_path(argv[0]);
    standin::log_start(path, argc, argv);
    const char *help = std::getenv("LYNX_HELP");
    standin::log_line(path, "LYNX_HELP", help != nullptr ? help : "(unset)");
    standin::log_line(path, "end", "");
    return 0;
}
