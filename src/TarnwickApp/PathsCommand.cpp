#include "TarnwickApp/PathsCommand.h"
namespace PathsCommand {
int run(const QStringList &) { return 1; }
}
