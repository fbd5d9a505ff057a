document.getElementById('app').textContent='Vantbrook';
