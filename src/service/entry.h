// The process entry: banner, update lock and the choice of road.
#pragma once

constexpr const char* service_name = "Orvane Autoupdate Service";

int process_entry(int argc, char** argv);
