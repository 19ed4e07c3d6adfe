#pragma once
// State changes a user would see, on standard error: what a support person
// (and the whole-program tests) read to know where the shell stands. One
// category for every part of the shell, so that one filter shows them all.
#include <QLoggingCategory>

namespace quorvane
{
Q_DECLARE_LOGGING_CATEGORY(lcShell)
} // namespace quorvane
