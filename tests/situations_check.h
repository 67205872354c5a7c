/* What any contract program's list of situations must be, whatever its
 * dimensions; each program's model tests hold its own list to it. Each
 * function answers one message per fault found, none when there is none. */
#ifndef TESTS_SITUATIONS_CHECK_H
#define TESTS_SITUATIONS_CHECK_H

#include <string>
#include <vector>

#include "cover.h"

// Values of the dimensions that share a name: a situation's name would
// read two ways.
std::vector<std::string> shared_value_names(const dimensions &dims);

// Situations of the list that make no sense, come twice, or whose name
// does not read back as them.
std::vector<std::string> misnamed(const dimensions &dims, const std::vector<situation> &list,
                                  validity valid);

// Each combination of values of an interaction's dimensions that some
// situation could hold and none of the list holds: the generator's
// covering, tried against every situation there is.
std::vector<std::string> uncovered(const dimensions &dims, const coverage &what,
                                   const std::vector<situation> &list, validity valid);

// Situations that come after a heavier one: smaller ones run first.
std::vector<std::string> out_of_order(const dimensions &dims, const std::vector<situation> &list);

#endif
