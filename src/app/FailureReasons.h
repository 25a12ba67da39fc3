// Why a file failed, in the user's words: the one place where failure kinds become Japanese
// text for the secondary text of a file's box.
#pragma once

#include <exception>
#include <string>

std::string FailureReason(std::exception_ptr failure);
