// Pure calendar helpers of the plug-in: no Python here, so they read and test on their own.
#pragma once

namespace start_boce::calendar {

// The days from 1970-01-01 to the date year-month-day of the proleptic Gregorian calendar
// (negative before): two dates' numbers differ by the calendar days between them.
long long day_number(long long year, unsigned month, unsigned day);

}  // namespace start_boce::calendar
