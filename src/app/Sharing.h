#pragma once
// What is shared and with whom, as the command line asks: whether links in
// the music folder are followed wherever they lead (--wide-links), which
// clients may connect (--allow) and how many lines one of them may hold
// (--max-lines-per-host). Applied once at start-up, before the first scan
// and the first Listen; the start-up log says whatever differs from the
// default (only the music folder, every client, no limit per client).
//
// Never waits.

class Server;
struct CommandLine;

void applySharing(Server &server, const CommandLine &commandLine);
