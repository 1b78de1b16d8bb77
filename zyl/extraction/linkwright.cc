// Placeholder until URL mapping lands.
