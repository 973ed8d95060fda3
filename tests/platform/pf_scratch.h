/*
 * pf_scratch.h - the platform tests' scratch folder and whole-file helpers:
 * the shared ones of tests/support, under the names these tests use.
 */
#ifndef MAILWARD_TESTS_PF_SCRATCH_H
#define MAILWARD_TESTS_PF_SCRATCH_H

#include "pf/platform.h"
#include "support/test_files.h"

namespace pftest {

using Scratch = testkit::ScratchDir;
using testkit::ReadFile;
using testkit::WriteFile;

}  // namespace pftest

#endif
