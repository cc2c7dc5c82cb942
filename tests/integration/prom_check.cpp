// Checks that standard input is valid Prometheus text exposition format, with the same strict
// reader the unit tests use; prints the first fault.
#include <iostream>
#include <iterator>
#include <string>

#include "../unit/prometheus_text_parser.h"

int main(int argc, char**) {
    if (argc != 1) {
        std::cerr << "usage: orvane_prom_check < FILE\n";
        return 2;
    }
    std::string text((std::istreambuf_iterator<char>(std::cin)), std::istreambuf_iterator<char>());
    orvane::testing::PromParser parser;
    orvane::testing::PromExposition exposition;
    std::string error;
    if (!parser.Parse(text, exposition, error)) {
        std::cerr << "orvane_prom_check: " << error << "\n";
        return 1;
    }
    for (const auto& [name, family] : exposition.families) {
        if (!family.hasHelp || !family.hasType) {
            std::cerr << "orvane_prom_check: " << name << " lacks HELP or TYPE\n";
            return 1;
        }
    }
    std::cout << exposition.samples.size() << " samples in " << exposition.families.size() << " families\n";
    return 0;
}
