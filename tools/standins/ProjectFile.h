#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kilnware::standins {

// What kilnware's video DVD project file asks dvdauthor for: the output folder and the MPEG files
// of the titles, in order.
struct Project {
    std::string dest;
    std::vector<std::string> videoFiles;
};

// Reads the project file that kilnware writes for dvdauthor:
//
//   <dvdauthor dest="OUT"><vmgm /><titleset><titles><pgc><vob file="F"/>...</pgc>...
//
// and nothing else: any other element or attribute, a DOCTYPE (its entities could hand dvdauthor
// names this reader never saw), CDATA, processing instructions, stray text, malformed UTF-8 or a
// line break inside an attribute (which the XML parser of dvdauthor would turn into a space) is
// refused, so that every file dvdauthor would open is a name checked here. On refusal, `error`
// says why and on which line.
std::optional<Project> readProject(std::string_view text, std::string& error);

}  // namespace kilnware::standins
