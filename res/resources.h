#pragma once

namespace zq {
// Makes the compiled-in resources (icons, sounds) available; call once after QApplication.
void InitResources();
}  // namespace zq
