// The catalogue queries: each sends one request on the query channel and prints the answer as a
// table for people or, with --json, as one JSON object.
#include <ctype.h>
#include <stdio.h>

#include <algorithm>
#include <iostream>
#include <sstream>

#include "commands.h"
#include "json.h"
#include "query_channel.h"

namespace tzctl {
namespace {

constexpr size_t kAbbrevMax = TZ_ABBREV_FIELD - 1;
constexpr size_t kLocationMax = TZ_LOOKUP_LOCATION_FIELD - 1;

std::string field_text(const char *field, size_t width) {
    return std::string(field, tz_msg_text_len(field, width));
}

std::vector<std::string> words(const std::string &text) {
    std::istringstream in(text);
    std::vector<std::string> out;
    for (std::string w; in >> w;)
        out.push_back(w);
    return out;
}

// The service's offset text ("5:30", "-5:00", "0:00") as +05:30, -05:00, +00:00; a text that is
// not one is kept as it is.
std::string offset_text(const std::string &raw) {
    int hours = 0, minutes = 0, used = 0;
    const char *digits = raw.c_str() + (raw[0] == '-' || raw[0] == '+');
    if (raw.empty() || sscanf(digits, "%2d:%2d%n", &hours, &minutes, &used) != 2 ||
        digits[used] != '\0' || !isdigit(static_cast<unsigned char>(digits[0])) || minutes > 59)
        return raw;
    char out[16];
    snprintf(out, sizeof out, "%c%02d:%02d", raw[0] == '-' ? '-' : '+', hours, minutes);
    return out;
}

void check_count(int32_t count, int32_t capacity, const char *what) {
    if (count < 0 || count > capacity)
        throw Failure{kExitUnreachable, "malformed answer from the time-zone service (" +
                                            std::string(what) + " " + std::to_string(count) + ")"};
}

void validate_abbrev(const std::string &abbrev, bool allow_empty) {
    if (abbrev.size() > kAbbrevMax)
        throw Failure{kExitUsage, "abbreviation '" + abbrev + "' is too long (at most " +
                                      std::to_string(kAbbrevMax) + " characters)"};
    if (abbrev.empty() && !allow_empty)
        throw Failure{kExitUsage, "the abbreviation is empty"};
}

void validate_location(const std::string &location) {
    if (location.size() > kLocationMax)
        throw Failure{kExitUsage, "location '" + location + "' is too long (at most " +
                                      std::to_string(kLocationMax) + " characters)"};
    if (location.empty())
        throw Failure{kExitUsage, "the location is empty"};
}

std::unique_ptr<tz_cli_msg> ask(const Options &options, const tz_cli_msg &request) {
    QueryChannel channel(options.channel_path, options.timeout_ms);
    return channel.exchange(request);
}

// Prints ROWS as left-aligned columns under HEADER, two spaces apart; the last column is not
// padded.
void print_table(const std::vector<std::string> &header,
                 const std::vector<std::vector<std::string>> &rows) {
    std::vector<size_t> width(header.size());
    for (size_t c = 0; c < header.size(); c++) {
        width[c] = header[c].size();
        for (auto &row : rows)
            width[c] = std::max(width[c], row[c].size());
    }
    auto print_row = [&](const std::vector<std::string> &row) {
        std::string line;
        for (size_t c = 0; c < row.size(); c++) {
            line += row[c];
            if (c + 1 < row.size())
                line += std::string(width[c] - row[c].size() + 2, ' ');
        }
        std::cout << line << '\n';
    };
    print_row(header);
    for (auto &row : rows)
        print_row(row);
}

void note_capacity(int32_t count, int32_t capacity, const char *what) {
    if (count == capacity)
        std::cerr << "tzctl: note: the answer holds the most " << what << " a query can carry ("
                  << capacity << "); the list may be incomplete\n";
}

// --- list -------------------------------------------------------------------------------------

struct AbbrevRow {
    std::string abbrev;
    std::vector<std::string> offsets;
    bool more_offsets = false;  // the service's text was cut and ends in "..."
    int32_t locations = 0;
};

int run_list(const Options &options, const std::vector<std::string> &) {
    auto reply = ask(options, *new_request(TZ_MSG_RETRIEVE_TZLIST));
    int32_t count = reply->tz_list_count;
    check_count(count, TZ_LIST_MAX, "abbreviation count");

    std::vector<AbbrevRow> rows;
    for (int32_t i = 0; i < count; i++) {
        const tz_list_entry &e = reply->tz_list[i];
        AbbrevRow row;
        row.abbrev = field_text(e.abbrev, sizeof e.abbrev);
        row.locations = e.num_locations;
        for (auto &w : words(field_text(e.offsets, sizeof e.offsets))) {
            if (w == "UTC")
                continue;
            if (w == "...")
                row.more_offsets = true;
            else
                row.offsets.push_back(offset_text(w));
        }
        rows.push_back(std::move(row));
    }
    std::stable_sort(rows.begin(), rows.end(),
                     [](const AbbrevRow &a, const AbbrevRow &b) { return a.abbrev < b.abbrev; });

    if (options.json) {
        cli::JsonWriter j(std::cout);
        j.begin_object();
        j.field("count", count);
        j.field("possibly_truncated", count == TZ_LIST_MAX);
        j.key("abbreviations").begin_array();
        for (auto &row : rows) {
            j.begin_object();
            j.field("abbreviation", row.abbrev);
            j.key("utc_offsets").begin_array();
            for (auto &o : row.offsets)
                j.value(o);
            j.end_array();
            j.field("more_offsets", row.more_offsets);
            j.field("locations", row.locations);
            j.end_object();
        }
        j.end_array();
        j.end_object();
    } else {
        std::vector<std::vector<std::string>> table;
        for (auto &row : rows) {
            std::string offsets;
            for (auto &o : row.offsets)
                offsets += (offsets.empty() ? "" : " ") + o;
            if (row.more_offsets)
                offsets += " ...";
            table.push_back({row.abbrev, offsets, std::to_string(row.locations)});
        }
        print_table({"ABBREV", "UTC OFFSETS", "LOCATIONS"}, table);
    }
    note_capacity(count, TZ_LIST_MAX, "abbreviations");
    return kExitOk;
}

// --- locations ABBR ---------------------------------------------------------------------------

struct LocationRow {
    std::string location;
    std::string info;  // the service's text, kept for --json
    std::string offset;
    bool dst = false;
    std::string dst_abbrev;
};

// Splits the service's "OFFSET DST_ACTIV YES|NO [DSTZ: ABBR]" text.
void parse_info(LocationRow &row) {
    auto w = words(row.info);
    if (!w.empty())
        row.offset = offset_text(w[0]);
    row.dst = w.size() > 2 && w[1] == "DST_ACTIV" && w[2] == "YES";
    if (w.size() > 4 && w[3] == "DSTZ:")
        row.dst_abbrev = w[4];
}

int run_locations(const Options &options, const std::vector<std::string> &args) {
    const std::string &abbrev = args[0];
    validate_abbrev(abbrev, false);
    auto request = new_request(TZ_MSG_RETRIEVE_LOCATIONS);
    tz_msg_put_text(request->abbrev, sizeof request->abbrev, abbrev.c_str());
    auto reply = ask(options, *request);

    bool found = reply->tz_found != 0;
    int32_t count = found ? reply->loc_list_count : 0;
    check_count(count, TZ_LOC_LIST_MAX, "location count");
    std::vector<LocationRow> rows;
    for (int32_t i = 0; i < count; i++) {
        const loc_list_entry &e = reply->loc_list[i];
        LocationRow row;
        row.location = field_text(e.location, sizeof e.location);
        row.info = field_text(e.info, sizeof e.info);
        parse_info(row);
        rows.push_back(std::move(row));
    }
    std::stable_sort(rows.begin(), rows.end(), [](const LocationRow &a, const LocationRow &b) {
        return a.location < b.location;
    });

    if (options.json) {
        cli::JsonWriter j(std::cout);
        j.begin_object();
        j.field("abbreviation", abbrev);
        j.field("found", found);
        j.field("count", count);
        j.field("possibly_truncated", count == TZ_LOC_LIST_MAX);
        j.key("locations").begin_array();
        for (auto &row : rows) {
            j.begin_object();
            j.field("location", row.location);
            j.field("utc_offset", row.offset);
            j.field("dst_active", row.dst);
            j.key("dst_abbreviation");
            if (row.dst_abbrev.empty())
                j.null();
            else
                j.value(row.dst_abbrev);
            j.field("info", row.info);
            j.end_object();
        }
        j.end_array();
        j.end_object();
    } else if (found) {
        std::vector<std::vector<std::string>> table;
        for (auto &row : rows)
            table.push_back({row.location, row.offset, row.dst ? "yes" : "no",
                             row.dst_abbrev.empty() ? "-" : row.dst_abbrev});
        print_table({"LOCATION", "UTC OFFSET", "DST NOW", "DST ABBREV"}, table);
    }
    if (!found) {
        std::cerr << "tzctl: no such abbreviation: " << abbrev << '\n';
        return kExitNone;
    }
    note_capacity(count, TZ_LOC_LIST_MAX, "locations");
    return kExitOk;
}

// --- complete PREFIX --------------------------------------------------------------------------

int run_complete(const Options &options, const std::vector<std::string> &args) {
    const std::string &prefix = args[0];
    validate_abbrev(prefix, true);
    auto request = new_request(TZ_MSG_MATCH_TZ);
    tz_msg_put_text(request->abbrev, sizeof request->abbrev, prefix.c_str());
    auto reply = ask(options, *request);

    bool exact = reply->tz_found != 0;
    bool unique = !exact && reply->tz_unique != 0;
    std::string completion;
    if (exact)
        completion = prefix;
    else if (unique)
        completion = field_text(reply->abbrev, sizeof reply->abbrev);

    if (options.json) {
        cli::JsonWriter j(std::cout);
        j.begin_object();
        j.field("prefix", prefix);
        j.field("exact", exact);
        j.field("unique", unique);
        j.key("completion");
        if (exact || unique)
            j.value(completion);
        else
            j.null();
        j.end_object();
    } else if (exact || unique) {
        std::cout << completion << '\n';
    }
    if (!exact && !unique) {
        std::cerr << "tzctl: no unique completion for '" << prefix
                  << "': no abbreviation, or several, begin with it\n";
        return kExitNone;
    }
    return kExitOk;
}

// --- zone-of LOCATION -------------------------------------------------------------------------

int run_zone_of(const Options &options, const std::vector<std::string> &args) {
    const std::string &location = args[0];
    validate_location(location);
    auto request = new_request(TZ_MSG_LOCATION_TO_TZ);
    tz_msg_put_text(request->lookup_location, sizeof request->lookup_location, location.c_str());
    auto reply = ask(options, *request);

    bool found = reply->loc_found != 0;
    std::string abbrev = found ? field_text(reply->abbrev, sizeof reply->abbrev) : "";
    if (options.json) {
        cli::JsonWriter j(std::cout);
        j.begin_object();
        j.field("location", location);
        j.field("found", found);
        j.key("abbreviation");
        if (found)
            j.value(abbrev);
        else
            j.null();
        j.end_object();
    } else if (found) {
        std::cout << abbrev << '\n';
    }
    if (!found) {
        std::cerr << "tzctl: unknown location: " << location << '\n';
        return kExitNone;
    }
    return kExitOk;
}

// --- all-locations ----------------------------------------------------------------------------

int run_all_locations(const Options &options, const std::vector<std::string> &) {
    auto reply = ask(options, *new_request(TZ_MSG_RETRIEVE_ALL_LOCATIONS));
    int32_t count = reply->loc_list_count;
    check_count(count, TZ_LOC_LIST_MAX, "location count");
    std::vector<std::string> locations;
    for (int32_t i = 0; i < count; i++)
        locations.push_back(field_text(reply->loc_list[i].location, TZ_LOCATION_FIELD));
    std::sort(locations.begin(), locations.end());

    if (options.json) {
        cli::JsonWriter j(std::cout);
        j.begin_object();
        j.field("count", count);
        j.field("possibly_truncated", count == TZ_LOC_LIST_MAX);
        j.key("locations").begin_array();
        for (auto &l : locations)
            j.value(l);
        j.end_array();
        j.end_object();
    } else {
        for (auto &l : locations)
            std::cout << l << '\n';
    }
    note_capacity(count, TZ_LOC_LIST_MAX, "locations");
    return kExitOk;
}

}  // namespace

const std::vector<Command> &query_commands() {
    static const std::vector<Command> commands = {
        {"list", "", "list every abbreviation with its UTC offsets and number of locations",
         "Prints one row per standard-time abbreviation the service knows, sorted by name: the\n"
         "abbreviation, the UTC offsets of the zones that use it (as +01:00; \"...\" when there\n"
         "are more than fit in one answer) and how many locations use it.\n"
         "JSON: {count, possibly_truncated, abbreviations: [{abbreviation, utc_offsets: [..],\n"
         "more_offsets, locations}]}",
         0, 0, run_list},
        {"locations", "ABBR",
         "list the locations of an abbreviation and whether daylight saving is in effect",
         "Prints the locations (zone names) whose standard-time abbreviation is ABBR, with the\n"
         "UTC offset, whether daylight-saving time is in effect there now and the daylight-\n"
         "saving abbreviation. Exits 4 with \"no such abbreviation\" when ABBR is unknown.\n"
         "ABBR has at most 10 characters.\n"
         "JSON: {abbreviation, found, count, possibly_truncated, locations: [{location,\n"
         "utc_offset (\"+05:30\"), dst_active (true | false), dst_abbreviation (\"CEST\" |\n"
         "null), info (the service's text, \"5:30 DST_ACTIV NO \")}]}",
         1, 1, run_locations},
        {"complete", "PREFIX", "complete an abbreviation from a unique prefix",
         "Prints PREFIX when it is an abbreviation, otherwise the one abbreviation that begins\n"
         "with PREFIX. Exits 4 when no abbreviation, or more than one, begins with it.\n"
         "JSON: {prefix, exact, unique, completion}",
         1, 1, run_complete},
        {"zone-of", "LOCATION", "print the abbreviation of a location",
         "Prints the standard-time abbreviation of LOCATION, a zone name such as Europe/Paris.\n"
         "Exits 4 with \"unknown location\" when the service does not know it. LOCATION has at\n"
         "most 63 characters.\n"
         "JSON: {location, found, abbreviation}",
         1, 1, run_zone_of},
        {"all-locations", "", "list every location the service knows",
         "Prints every location, one per line, sorted. One answer carries at most 599\n"
         "locations; when it is full a note on standard error says the list may be incomplete.\n"
         "JSON: {count, possibly_truncated, locations: [..]}",
         0, 0, run_all_locations},
    };
    return commands;
}

}  // namespace tzctl
