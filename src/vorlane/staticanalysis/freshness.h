// Which of astroid's cached module trees and module lookups a call of an entry point
// may still use, and what it lets go when it ends (freshness.cpp, compiled into meta).
#pragma once

#include "support.h"

namespace freshness {

// meta.forget_stale_modules(project_root=None): called by every entry point before it
// parses or infers anything. Forgets each cached module tree that is no longer the one
// the call would build (its file changed or is gone, or lies under the root of an
// earlier call and outside this call's), with the cached trees built against it, and
// each module lookup that could now answer otherwise. Answers the time it started, in
// nanoseconds, for release_call_leftovers.
py::object forget_stale_modules(py::handle project_root);

// meta.release_call_leftovers(text_trees, started): called by every entry point however
// it ends. Lets go of the trees the call parsed from text, stamps the modules it built
// and empties the inference caches.
void release_call_leftovers(py::handle text_trees, py::handle started);

} // namespace freshness
