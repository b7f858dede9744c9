#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

// The headless programs' messages are written in English in the code and
// shown in the user's language where a catalogue has it: Chinese, in the
// dialogs' words, for every zh_* locale. Only the messages' language follows
// the locale; numbers, times and JSON stay as they are in every locale.

// Reads the language from the environment (LC_ALL, LC_MESSAGES, LANG) and
// finds the catalogues: those of a build beside its programs, else the
// installed ones. Called once, before any message is made.
void setUpMessages();

// The message in the user's language, in UTF-8; english itself where no
// catalogue has it.
const char* tr(const char* english);

// The message in the user's language with {1}, {2}, ... replaced by the
// values in turn, so that a language may put them in another order:
// say("speed {1}", {"512.0"}).
std::string say(const char* english, std::initializer_list<std::string> values);

// The text as one line that shows what was typed: a control character in it
// is written as \xNN, so that it can neither break the line nor reach the
// terminal as a command.
std::string printableText(std::string_view text);
