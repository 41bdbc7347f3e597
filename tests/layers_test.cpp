// The include graph of the program runs one way: windows → client logic → records and wire
// framing → base/, and the stand-in server sees only the records and base/. Qt appears only in
// window files. The rules (docs/architecture.md):
//
//   base/...            the bottom layer: includes nothing of the program above it
//   <folder>/wire/...   records and wire framing, shared with the server
//   server/...          the stand-in server; its job folders include only jobs below them in
//                       the order store, market, trading, links, then web and control apart,
//                       and the files directly in server/ put them all together
//   <folder>/ui/..., res/...  the client's windows (Qt)
//   <folder>/...        the client's logic, no Qt; a folder includes only folders below it in
//                       the order widgets, market, trading, chart, reports, net, app
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <string>
#include <vector>

namespace {

enum class Layer { Base, Wire, Logic, Window, Server, Outside };

const char* LayerName(Layer l) {
    switch (l) {
        case Layer::Base:
            return "base";
        case Layer::Wire:
            return "records";
        case Layer::Logic:
            return "client logic";
        case Layer::Window:
            return "windows";
        case Layer::Server:
            return "server";
        case Layer::Outside:
            return "outside the program";
    }
    return "?";
}

// The folders of the client, lowest first.
const std::vector<std::string> kClientFolders = {"widgets", "market", "trading", "chart",
                                                 "reports", "net",    "app"};

// The stand-in server's job folders, lowest first; web and control stand apart on one rank.
const std::vector<std::string> kServerFolders = {"store", "market", "trading",
                                                 "links", "web",    "control"};

int ServerRank(const std::string& folder) {
    auto it = std::find(kServerFolders.begin(), kServerFolders.end(), folder);
    const int rank = static_cast<int>(it - kServerFolders.begin());
    return folder == "control" ? rank - 1 : rank;
}

// The job folder of a server path ("store" for server/store/store.h); empty for a file directly
// in server/.
std::string ServerFolder(const std::string& path) {
    const std::size_t first = path.find('/');
    const std::size_t second = path.find('/', first + 1);
    return second == std::string::npos ? std::string() : path.substr(first + 1, second - first - 1);
}

// A server file includes its own job folder, jobs below it, and nothing of the files that put
// the server together.
bool ServerIncludeAllowed(const std::string& from, const std::string& to) {
    const std::string a = ServerFolder(from), b = ServerFolder(to);
    if (a.empty() || a == b) return true;
    return !b.empty() && ServerRank(b) < ServerRank(a);
}

struct Place {
    Layer layer = Layer::Outside;
    std::string folder;  // first path component
};

Place Classify(const std::string& path) {
    Place p;
    p.folder = path.substr(0, path.find('/'));
    const bool inClientFolder =
        std::find(kClientFolders.begin(), kClientFolders.end(), p.folder) != kClientFolders.end();
    if (p.folder == "base")
        p.layer = Layer::Base;
    else if (p.folder == "server")
        p.layer = Layer::Server;
    else if (p.folder == "res")
        p.layer = Layer::Window;
    else if (inClientFolder && path.find("/ui/") != std::string::npos)
        p.layer = Layer::Window;
    else if (inClientFolder && path.find("/wire/") != std::string::npos)
        p.layer = Layer::Wire;
    else if (inClientFolder)
        p.layer = Layer::Logic;
    return p;
}

int FolderRank(const std::string& folder) {
    auto it = std::find(kClientFolders.begin(), kClientFolders.end(), folder);
    return static_cast<int>(it - kClientFolders.begin());
}

// Why `from` may not include `to`; empty when it may.
std::string IncludeFault(const std::string& from, const std::string& to) {
    const Place a = Classify(from), b = Classify(to);
    if (b.layer == Layer::Outside) return {};  // the build's own generated headers, tests
    bool allowed = false;
    switch (a.layer) {
        case Layer::Base:
            allowed = b.layer == Layer::Base;
            break;
        case Layer::Wire:
            allowed = b.layer == Layer::Base || b.layer == Layer::Wire;
            break;
        case Layer::Server:
            allowed = b.layer == Layer::Base || b.layer == Layer::Wire ||
                      (b.layer == Layer::Server && ServerIncludeAllowed(from, to));
            break;
        case Layer::Logic:
            allowed = b.layer == Layer::Base || b.layer == Layer::Wire ||
                      (b.layer == Layer::Logic && FolderRank(b.folder) <= FolderRank(a.folder));
            break;
        case Layer::Window:
            allowed = b.layer != Layer::Server;
            break;
        case Layer::Outside:
            allowed = true;
            break;
    }
    if (allowed) return {};
    std::string why = from + " (" + LayerName(a.layer) + ", " + a.folder + ") includes " + to +
                      " (" + LayerName(b.layer) + ", " + b.folder + ")";
    return why;
}

struct Source {
    std::string path;  // relative to the source root
    std::string text;
};

// Every rule broken by a set of sources.
std::vector<std::string> Faults(const std::vector<Source>& sources) {
    static const std::regex quoted(R"re(^\s*#\s*include\s*"([^"]+)")re");
    static const std::regex qt(R"re(^\s*#\s*include\s*<(Q[A-Za-z]*|Qt[A-Za-z]+/[^>]*)>)re");
    std::vector<std::string> faults;
    for (const Source& s : sources) {
        const Place here = Classify(s.path);
        std::size_t lineNo = 0, pos = 0;
        while (pos <= s.text.size()) {
            std::size_t end = s.text.find('\n', pos);
            if (end == std::string::npos) end = s.text.size();
            const std::string line = s.text.substr(pos, end - pos);
            ++lineNo;
            std::smatch m;
            if (std::regex_search(line, m, quoted)) {
                std::string fault = IncludeFault(s.path, m[1].str());
                if (!fault.empty()) faults.push_back(fault + " at line " + std::to_string(lineNo));
            } else if (std::regex_search(line, m, qt) && here.layer != Layer::Window &&
                       here.layer != Layer::Outside) {
                faults.push_back(s.path + " includes the Qt header <" + m[1].str() +
                                 "> outside the window files, at line " + std::to_string(lineNo));
            }
            pos = end + 1;
        }
    }
    return faults;
}

std::vector<Source> ProgramSources() {
    namespace fs = std::filesystem;
    const fs::path root = ZQ_SOURCE_DIR;
    std::vector<Source> sources;
    for (const char* top : {"base", "net", "market", "chart", "trading", "reports", "widgets",
                            "app", "res", "server"}) {
        if (!fs::exists(root / top)) continue;
        for (const auto& e : fs::recursive_directory_iterator(root / top)) {
            if (!e.is_regular_file()) continue;
            const std::string ext = e.path().extension().string();
            if (ext != ".h" && ext != ".cpp" && ext != ".in") continue;
            std::ifstream f(e.path(), std::ios::binary);
            sources.push_back({fs::relative(e.path(), root).generic_string(),
                               std::string(std::istreambuf_iterator<char>(f), {})});
        }
    }
    return sources;
}

TEST(Layers, TheProgramIncludesOnlyDownwards) {
    const std::vector<Source> sources = ProgramSources();
    ASSERT_GT(sources.size(), 100u) << "the source tree was not found at " << ZQ_SOURCE_DIR;
    for (const std::string& f : Faults(sources)) ADD_FAILURE() << f;
}

TEST(Layers, EveryUpwardIncludeIsCaught) {
    struct Case {
        const char* file;
        const char* include;
    };
    // Each of these breaks a rule.
    for (const Case& c : std::vector<Case>{
             {"market/bar_series.h", "chart/chart_input.h"},
             {"market/history_cache.cpp", "app/settings_block.h"},
             {"market/bar_series.h", "app/ui/main_frame.h"},
             {"trading/model.cpp", "net/push_link.h"},
             {"trading/model.cpp", "chart/chart_input.h"},
             {"net/push_link.cpp", "chart/ui/ckmain.h"},
             {"base/config.cpp", "net/wire/socket.h"},
             {"net/wire/framing.cpp", "net/push_link.h"},
             {"trading/wire/profit.cpp", "trading/model.h"},
             {"server/trading/accounts.cpp", "trading/model.h"},
             {"server/market/bars.cpp", "chart/ui/chart_painter.h"},
             {"chart/ui/ckmain.cpp", "server/market/bars.h"},
             {"server/store/store.cpp", "server/trading/alerts.h"},
             {"server/web/web_pages.cpp", "server/control/control.h"},
             {"server/control/control.cpp", "server/web/web_pages.h"},
             {"server/links/dispatch.h", "server/server.h"},
         }) {
        const std::vector<Source> one = {{c.file, std::string("#include \"") + c.include + "\"\n"}};
        EXPECT_EQ(Faults(one).size(), 1u) << c.file << " → " << c.include;
    }
    // And these keep them.
    for (const Case& c : std::vector<Case>{
             {"market/bar_series.h", "market/bar_geometry.h"},
             {"market/bar_series.h", "trading/wire/records.h"},
             {"chart/chart_input.h", "market/bar_series.h"},
             {"chart/chart_input.cpp", "trading/model.h"},
             {"net/push_link.cpp", "reports/message_store.h"},
             {"net/push_link.cpp", "trading/model.h"},
             {"app/ui/child_view.cpp", "chart/ui/ckmain.h"},
             {"net/ui/dlg_login.cpp", "app/ui/single_instance.h"},
             {"server/trading/accounts.cpp", "trading/wire/profit.h"},
             {"server/store/log.cpp", "base/market_clock.h"},
             {"server/links/dispatch.h", "server/trading/execution.h"},
             {"server/control/control.cpp", "server/links/listener.h"},
             {"server/schema.cpp", "server/market/bars.h"},
             {"base/config.cpp", "base/version.h"},
         }) {
        const std::vector<Source> one = {{c.file, std::string("#include \"") + c.include + "\"\n"}};
        EXPECT_TRUE(Faults(one).empty()) << c.file << " → " << c.include;
    }
}

TEST(Layers, QtOnlyInWindowFiles) {
    EXPECT_EQ(Faults({{"market/bar_series.cpp", "#include <QString>\n"}}).size(), 1u);
    EXPECT_EQ(Faults({{"server/main.cpp", "  #  include <QtCore/QTimer>\n"}}).size(), 1u);
    EXPECT_EQ(Faults({{"net/wire/socket.h", "#include <QTcpSocket>\n"}}).size(), 1u);
    EXPECT_TRUE(Faults({{"chart/ui/ckmain.cpp", "#include <QPainter>\n"}}).empty());
    EXPECT_TRUE(Faults({{"res/resources.cpp", "#include <QtGlobal>\n"}}).empty());
    // Standard headers that start with a capital Q do not exist; <queue> is not Qt.
    EXPECT_TRUE(Faults({{"market/bar_series.cpp", "#include <queue>\n"}}).empty());
}

}  // namespace
