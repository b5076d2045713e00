// qzcache view in a tool built without the viewer: says why and how to get it.
#include "qzcacheCommands.h"
#include "qzcacheCommon.h"

namespace qztool {

int runView(const ViewOptions&) {
    throw ToolError(kExitBadArguments, std::string("this qzcache was built without view: ") +
                                           QZCACHE_VIEWER_MISSING);
}

}  // namespace qztool
