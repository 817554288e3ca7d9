// The folders of src/ include one another in one direction only: a folder that reaches back into one that
// includes it (util into the engine, the cache readers into the rest of the engine, a window into the
// program's shell) is a loop, and this test names it with an include that makes each step.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <string>
#include <vector>

namespace
{

namespace fs = std::filesystem;

// One step of the graph, with the include that makes it: "src/a/B.cpp includes c/D.h".
using Graph = std::map<std::string, std::map<std::string, std::string>>;

// How a folder counts in a graph: the folder itself, or the part of the tree it belongs to.
using Grouping = std::function<std::string(const std::string& folder)>;

std::string folderOf(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

Graph includeGraph(const fs::path& sourceRoot, const Grouping& group)
{
    static const std::regex include(R"(^\s*#\s*include\s*"([^"]+)\")");
    Graph graph;
    for (const fs::directory_entry& file : fs::recursive_directory_iterator(sourceRoot)) {
        const std::string extension = file.path().extension().string();
        if (!file.is_regular_file() || (extension != ".h" && extension != ".cpp"))
            continue;
        const std::string relative = fs::relative(file.path(), sourceRoot).generic_string();
        const std::string from = group(folderOf(relative));
        graph[from];
        std::ifstream in(file.path());
        std::string line;
        std::smatch match;
        while (std::getline(in, line)) {
            if (!std::regex_search(line, match, include))
                continue;
            const std::string target = match[1].str();
            // Only the project's own headers, which are named from src/.
            if (!fs::exists(sourceRoot / target))
                continue;
            const std::string to = group(folderOf(target));
            if (to != from)
                graph[from].try_emplace(to, "src/" + relative + " includes " + target);
        }
    }
    return graph;
}

// A loop of `graph`, as the includes that make it; empty when there is none.
std::vector<std::string> findLoop(const Graph& graph)
{
    enum class Mark
    {
        Unvisited,
        OnPath,
        Done,
    };
    std::map<std::string, Mark> marks;
    std::vector<std::string> path;
    std::vector<std::string> loop;
    std::function<bool(const std::string&)> visit = [&](const std::string& node) {
        marks[node] = Mark::OnPath;
        path.push_back(node);
        const auto edges = graph.find(node);
        if (edges != graph.end()) {
            for (const auto& [next, because] : edges->second) {
                if (marks[next] == Mark::OnPath) {
                    auto at = std::find(path.begin(), path.end(), next);
                    for (; at != path.end(); ++at) {
                        const std::string& to = at + 1 == path.end() ? next : *(at + 1);
                        loop.push_back(graph.at(*at).at(to));
                    }
                    return true;
                }
                if (marks[next] == Mark::Unvisited && visit(next))
                    return true;
            }
        }
        path.pop_back();
        marks[node] = Mark::Done;
        return false;
    };
    for (const auto& [node, edges] : graph) {
        if (marks[node] == Mark::Unvisited && visit(node))
            return loop;
    }
    return {};
}

std::string joined(const std::vector<std::string>& steps)
{
    std::string text;
    for (const std::string& step : steps)
        text += "\n  " + step;
    return text;
}

const fs::path kSourceRoot = fs::path(WEBGLEANER_SOURCE_DIR) / "src";

TEST(SourceLayoutTest, NoFolderIncludesItsWayBackToItself)
{
    const struct
    {
        const char* name;
        Grouping group;
    } groupings[] = {
        {"each folder", [](const std::string& folder) { return folder; }},
        // The engine as one, but for the cache readers, which stand below the rest of it.
        {"top-level folders",
         [](const std::string& folder) {
             if (folder.rfind("engine/cache", 0) == 0)
                 return std::string("engine/cache");
             return folder.substr(0, folder.find('/'));
         }},
    };
    for (const auto& grouping : groupings) {
        SCOPED_TRACE(grouping.name);
        const Graph graph = includeGraph(kSourceRoot, grouping.group);
        // The walk found the sources and their includes: an empty graph would pass for a clean one.
        ASSERT_TRUE(graph.count("app") && !graph.at("app").empty());
        const std::vector<std::string> loop = findLoop(graph);
        EXPECT_TRUE(loop.empty()) << "an include loop:" << joined(loop);
    }
}

TEST(SourceLayoutTest, TheLoopFinderNamesEachStep)
{
    const Graph graph = {
        {"a", {{"b", "a includes b"}}},
        {"b", {{"c", "b includes c"}}},
        {"c", {{"a", "c includes a"}, {"d", "c includes d"}}},
        {"d", {}},
    };
    EXPECT_EQ(findLoop(graph), (std::vector<std::string>{"a includes b", "b includes c", "c includes a"}));
    EXPECT_TRUE(findLoop({{"a", {{"b", "a includes b"}}}, {"b", {}}}).empty());
}

} // namespace
