// Shared test helpers. Each helper lives in a header of its own beside this
// one; include the one you need.
#pragma once
