// The monotonic clock the serial layer's deadlines run on, for whoever needs the same one.
#pragma once

// Milliseconds since an arbitrary fixed point, with a fraction; never goes back.
double monotonicMs();
