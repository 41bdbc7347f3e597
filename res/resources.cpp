#include "res/resources.h"

#include <QtCore/qglobal.h>

static void InitZqResources() {
    Q_INIT_RESOURCE(res);
}

namespace zq {
void InitResources() {
    InitZqResources();
}
}  // namespace zq
