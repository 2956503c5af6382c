#pragma once

// The forked daemon's life; its result is main's.
int daemon_main();
