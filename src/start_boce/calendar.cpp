#include "start_boce/calendar.hpp"

namespace start_boce::calendar {

// Howard Hinnant's days_from_civil: the year taken to begin in March, so that a leap day ends it.
long long day_number(long long year, unsigned month, unsigned day) {
    year -= month <= 2;
    const long long era = (year >= 0 ? year : year - 399) / 400;
    const auto year_of_era = static_cast<unsigned>(year - era * 400);  // [0, 399]
    const unsigned day_of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const unsigned day_of_era =
        year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;  // [0, 146096]
    return era * 146097 + static_cast<long long>(day_of_era) - 719468;
}

}  // namespace start_boce::calendar
