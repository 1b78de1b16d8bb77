{{ config(tags=['daily'], owner='ops') }}
select id, customer_id, amount, updated_at
from {{ source('crm', 'orders') }}
where created_at >= '{{ var("start_date") }}' {# keep old rows out #}
