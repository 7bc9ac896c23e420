"use strict";
document.getElementById("login-form").addEventListener("submit", async (event) => {
  event.preventDefault();
  const form = event.target;
  const error = document.getElementById("login-error");
  error.textContent = "";
  form.querySelector("button").disabled = true;
  try {
    const res = await fetch("/api/login", {
      method: "POST",
      headers: { "Content-Type": "application/json" },
      body: JSON.stringify({ name: form.name.value, password: form.password.value }),
    });
    if (res.ok) {
      location.href = "/";
      return;
    }
    const body = await res.json().catch(() => ({}));
    error.textContent = body.error || "login failed (" + res.status + ")";
  } catch (e) {
    error.textContent = "the console cannot be reached";
  } finally {
    form.querySelector("button").disabled = false;
  }
});
