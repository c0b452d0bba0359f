// Zone names from the zoneinfo tree itself, for what the service's answers cannot carry: the
// zones past the most one answer holds (completion) and near misses ("did you mean").
#pragma once

#include <string>
#include <vector>

#include "commands.h"

namespace tzctl {

// Every zone name for completion: the service's list of all locations, and where that list is
// cut (one answer carries at most 599) or the service does not answer, the tree's zones too.
// Sorted, without repeats.
std::vector<std::string> zone_names(const Options &options);

// The zone files below ROOT, as names relative to it, sorted: the entries the service's catalogue
// takes (the same top-level names left out, links taken as zones, only real directories walked),
// kept when the setter would take them (a regular file with the TZif magic, inside ROOT).
std::vector<std::string> tree_zones(const std::string &root);

// Up to MAX names of CANDIDATES close to NAME, closest first: the same name in another case, one
// a few letters away, or one whose last component is NAME.
std::vector<std::string> similar_zones(const std::string &name,
                                       const std::vector<std::string> &candidates, size_t max = 3);

}  // namespace tzctl
