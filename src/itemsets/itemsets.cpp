#include "itemsets/itemsets.hpp"
