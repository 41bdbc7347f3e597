// The operator's member commands: a member added, or given a new password, from the command line
// (zq-server --add-member NAME, --set-password NAME; the password on standard input), in the
// store a running server uses or not.
#pragma once

#include <cstdio>
#include <optional>
#include <string>

#include "server/store/store.h"

namespace zq::server {

// The shortest password the operator may give a member.
constexpr std::size_t kMinMemberPassword = 8;

// Adds the member with state 1 and AccountClass 1 (its account opens on first use); false with
// `message` saying why: a name or password the client cannot send (empty, a control
// character, not in code page 936, longer than the login's 40 bytes), a password shorter than
// kMinMemberPassword, a name taken, or a store that fails. `message` says what was done.
bool AddOperatorMember(Store& store, const std::string& name, const std::string& password,
                       std::string& message);

// Gives the member a new password, checked as AddOperatorMember checks it; false with
// `message` saying why (also for an unknown name).
bool SetOperatorPassword(Store& store, const std::string& name, const std::string& password,
                         std::string& message);

// One line of `in` without its line end, read with the echo off when `in` is a terminal (a
// prompt goes to stderr then); nothing at the end of the input.
std::optional<std::string> ReadPasswordLine(std::FILE* in, const std::string& prompt);

}  // namespace zq::server
