"""The trading task as an environment: the session on the page (trading), its actions, observations, rewards,
account and markets, the Gymnasium environment and its vector forms, the episode summary, and the loops and
workers (SB3, Ray) that drive them."""
