#include "LayoutReport.h"

#include <kilnware/VXBurn.h>
#include <kilnware/platform/discrecording/DRBurn.h>
#include <kilnware/platform/discrecording/DRKeys.h>

namespace kilnware::cli {

using namespace platform;
using nlohmann::json;

void showLayout(const Output& output, const Value& layout, const DRDevice* device,
                const std::vector<std::string>& labels, bool estimate) {
    const VXBurn::LayoutMeasure measure = VXBurn::measureLayout(layout, device);
    const auto tracks = DRBurn::tracksOfLayout(layout);
    const std::string about = estimate ? "about " : "";
    json described = json::array();
    const bool named = tracks.size() == 1 && tracks.front()->volumeName();
    std::string what = named ? "\"" + measure.name + "\"" : measure.name;
    what.front() = named ? what.front() : 't';  // "the audio CD"
    output.say("Would burn " + what +
               (estimate ? " (its size reckoned from the files before authoring)" : "") + ":");
    for (std::size_t i = 0; i < tracks.size(); ++i) {
        const DRTrack& track = *tracks[i];
        const Value single(tracks[i]);
        const VXBurn::LayoutMeasure one = VXBurn::measureLayout(single);
        const char* kind = track.kind() == DRTrack::Kind::Audio  ? "audio"
                           : track.kind() == DRTrack::Kind::Data ? "data"
                                                                 : "disc image";
        const std::string label = i < labels.size() ? labels[i] : track.volumeName().value_or("");
        const double gap = track.properties()[DRPreGapLengthKey].doubleValue();
        std::string line = "  " + std::to_string(i + 1) + ". " + kind;
        line += label.empty() ? "" : ", " + label;
        line += ": " + about + one.size;
        if (track.kind() == DRTrack::Kind::Audio && gap >= 1) {
            line += ", " + std::to_string(static_cast<long long>(gap)) + " frames of pre-gap";
        }
        output.say(line);
        described.push_back({{"kind", kind},
                             {"label", label},
                             {"sectors", track.estimateLength()},
                             {"size", one.size},
                             {"preGap", gap >= 1 ? static_cast<std::uint64_t>(gap) : 0}});
    }
    std::string verdict = "In all " + about + measure.size;
    if (measure.problem) {
        verdict = *measure.problem;
    } else if (measure.medium) {
        verdict += ", on the " + *measure.medium + " in " + device->displayName() +
                   ", which holds " + measure.roomText + ": it fits.";
    } else {
        verdict += device ? ", and there is no disc in " + device->displayName() + "." : ".";
    }
    output.say(verdict);
    json event = {{"event", "layout"},
                  {"name", measure.name},
                  {"tracks", described},
                  {"sectors", measure.sectors},
                  {"bytes", measure.bytes},
                  {"audio", measure.audio},
                  {"size", measure.size},
                  {"estimate", estimate},
                  {"recorder", device ? json(device->displayName()) : json(nullptr)},
                  {"medium", measure.medium ? json(*measure.medium) : json(nullptr)},
                  {"room", measure.room},
                  {"roomText", measure.roomText},
                  {"fits", measure.fits}};
    output.event(std::move(event));
}

}  // namespace kilnware::cli
