#include "budgeted_io.h"

#include <algorithm>

int RunBudgeted(BudgetedSteps& steps, uint32_t budgetMs, int failureCode) {
    for (;;) {
        const int moved = steps.Call();
        if (moved < 0) return failureCode;
        if (moved > 0) return moved;
        if (budgetMs == 0) return 0;
        const uint32_t step = std::min(kBudgetStepMs, budgetMs);
        if (!steps.Wait(step)) return failureCode;
        budgetMs -= step;
    }
}
