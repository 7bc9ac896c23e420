#include "checkingservice/storage/store.h"

namespace pv::check {

std::string_view ActionName(Action action) { return action == Action::Forbid ? "forbid" : "allow"; }

std::optional<Action> ParseAction(std::string_view name) {
    if (name == "allow") return Action::Allow;
    if (name == "forbid") return Action::Forbid;
    return std::nullopt;
}

} // namespace pv::check
