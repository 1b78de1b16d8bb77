// Placeholder until target connections land.
