// Values the daemon finds once at start-up.
#pragma once

// header_bytes from a line of /proc/version: 0 or 4 for a version line it
// understands, -1 for any other line.
int header_bytes_for_version(const char* line);

// Sets header_bytes from /proc/version (the last line it understands wins).
void find_header_bytes();

// Sets next_sequence to one more than the highest number among the log
// file names in log_root; 0 when log_root cannot be read.
void find_next_sequence();
