// The scheduled and catch-up full scans as the protection loop runs them.
#pragma once

// The start-up missed test; arms the catch-up when a slot was missed.
void schedule_startup_check();
// The once-a-tick due test and, when due, the scheduled full scan.
void schedule_tick();
// The catch-up run (what the loop does once the catch-up wait is over).
void schedule_catch_up();
